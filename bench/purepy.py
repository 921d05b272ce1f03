def sum_as_string(a, b):
    return str((a + b) % 2**64)
