"""Where the jobs of a run execute: this process, local worker processes, or a Dask cluster."""
