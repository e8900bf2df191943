"""What the test suites and the benchmark share, so that neither imports the
other: Pacecap's expected output (expected.py), a Wine prefix with the
stand-in power library and the launcher (wine.py), and the paired timing
(timing.py). Each script puts the repository's root on the path to import it."""
