"""Reading, formats, writing and storage: everything that touches files."""
