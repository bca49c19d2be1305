"""python -m kq2741ctl.tango ARGS: the same as kq2741-tango ARGS."""
from .program import main

if __name__ == "__main__":
    main()
