"""Small helpers shared by the tavik packages."""
