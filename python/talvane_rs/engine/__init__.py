"""The engine: a request planned into jobs (one file each, and where its results
go), each job through the gate (flow), the jobs run here, in local processes or
on a Dask cluster (runners), and what came of them reported (report). The
command line, the tuning page and the public API call it; it imports none of them."""
