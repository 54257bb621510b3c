"""Named loggers for the SDK's modules."""

import logging


def get_logger(name: str) -> logging.Logger:
    """Return the standard logger called ``name``.

    Where its lines go is the application's choice (``logging.basicConfig``
    and friends); the SDK adds no handler of its own.
    """
    return logging.getLogger(name)
