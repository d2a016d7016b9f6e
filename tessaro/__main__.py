"""``python -m tessaro``: run the picture gallery and timing demo;
``python -m tessaro tiles``: warp a large raster tile by tile on a local
dask cluster (see tessaro/tiles_demo.py)."""

import sys

if sys.argv[1:2] == ["tiles"]:
    from tessaro.tiles_demo import main as tiles

    raise SystemExit(tiles(sys.argv[2:]))

from tessaro.demo import main

raise SystemExit(main())
