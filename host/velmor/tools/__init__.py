"""Tools: the tool base, the registry and the native tool creator."""
