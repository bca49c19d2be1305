"""python -m kq2741ctl.ioc ARGS: the same as kq2741-ioc ARGS."""
from .program import main

if __name__ == "__main__":
    main()
