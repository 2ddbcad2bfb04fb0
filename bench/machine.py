"""What a benchmark ran on, for the first line of its report."""
import os
import sys


def describe() -> str:
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            cpu = next((line.split(":", 1)[1].strip() for line in info if line.startswith("model name")), cpu)
    except OSError:
        pass
    return f"{os.cpu_count()} cores, {cpu}; Python {sys.version.split()[0]}"
