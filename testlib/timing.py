"""The paired timing of the benchmark and of the cold start on Windows."""
import statistics


def paired_ratio(time_one, argv_a, argv_b, pairs):
    """Median of t(a)/t(b) over pairs run back to back, the order alternating;
    time_one(argv) runs a command and returns its wall time."""
    for _ in range(3):  # warm-up
        time_one(argv_a), time_one(argv_b)
    ratios, times_a, times_b = [], [], []
    for i in range(pairs):
        if i % 2:
            b, a = time_one(argv_b), time_one(argv_a)
        else:
            a, b = time_one(argv_a), time_one(argv_b)
        ratios.append(a / b)
        times_a.append(a)
        times_b.append(b)
    return statistics.median(ratios), statistics.median(times_a), statistics.median(times_b)
