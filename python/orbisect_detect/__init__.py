"""Field detection on top of orbisect: a ball and painted lines in camera frames."""
