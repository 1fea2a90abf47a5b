"""The context record a node builds at setup and hands downstream."""


class Context:
    """`input`: the context that arrived (input-port name to context);
    `output`: what setup returned (output-port name to context)."""

    __slots__ = ("input", "output")

    def __init__(self, input=None, output=None):
        self.input = {} if input is None else input
        self.output = {} if output is None else output

    def __eq__(self, other):
        if not isinstance(other, Context):
            return NotImplemented
        return self.input == other.input and self.output == other.output

    __hash__ = None

    def __repr__(self):
        return f"Context(input={self.input!r}, output={self.output!r})"
