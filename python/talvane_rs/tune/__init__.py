"""talvane tune: a local web page that shows what the gate decides on one file,
lets a person move every parameter and listen, and gives back the command and
the library calls that do the same."""
