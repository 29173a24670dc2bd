// Nothing of its own: the probe library exists to link every object of the static library.
