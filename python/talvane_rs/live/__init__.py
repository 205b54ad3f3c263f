"""talvane live: the streaming gate on a sound card's input, in real time, to an
output device, a file or both; and talvane devices, which lists the devices."""
