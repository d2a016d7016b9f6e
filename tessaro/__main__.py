"""``python -m tessaro``: run the picture gallery and timing demo."""

from tessaro.demo import main

raise SystemExit(main())
