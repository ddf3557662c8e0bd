"""velmor: host stand-in of the agent framework around the tool creator."""
