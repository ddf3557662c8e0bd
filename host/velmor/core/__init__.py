"""Core services of the host: the subprocess manager and its workers."""
