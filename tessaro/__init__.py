"""Tessaro: exact, parallel resampling and clipping kernels for NumPy arrays."""

__version__ = "0.1.0"
