"""A Python module implemented in C++."""

__all__ = ["sum_as_string"]

def sum_as_string(a: int, b: int) -> str:
    """Formats the sum of two numbers as string."""
