"""A stand-in for the product's Business Layer, for running the kernel locally."""
