"""Native extension modules of Tessaro and their small pure-Python companions."""
