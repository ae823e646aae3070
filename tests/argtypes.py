"""Argument stand-ins shared by the tests of the module surface and the cuts."""


class IndexLike:
    """An object that converts to an integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatLike:
    """An object that converts to a float only through __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class StrSub(str):
    pass
