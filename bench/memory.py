"""This process's memory, as the benchmarks report it."""

import resource


def rss_mib():
    """The resident set size now, in MiB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("/proc/self/status has no VmRSS")


def peak_mib():
    """The largest resident set size so far, in MiB."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
