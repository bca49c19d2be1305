"""python -m kq2741ctl.panel ARGS: the same as kq2741-panel ARGS."""
from .program import main

if __name__ == "__main__":
    main()
