"""The PowerShell suite under Windows PowerShell 5.1 and the pinned pwsh, and
the check that nothing starts pwsh by name."""
import json
import ntpath
import os
import re
import subprocess
from pathlib import Path

from harness import ROOT, check


def pester_folder(locals_output, project):
    """The folder that holds Pester.psd1, restored from NuGet: the global
    packages folder as `dotnet nuget locals global-packages --list` prints
    it, then the package as NuGet lays it out (lower-case id, the version
    that the project pins)."""
    version = re.search(r'<PackageDownload\s+Include="Pester"\s+Version="\[([^\]]+)\]"', project).group(1)
    return ntpath.join(global_packages(locals_output), "pester", version, "tools")


def global_packages(locals_output):
    return re.search(r"^global-packages:\s*(.+?)\s*$", locals_output, re.M).group(1)


def suite_counts(text):
    """(passed, failed, skipped) from a suite's last "N passed, M failed"
    line, or None when it has none."""
    found = re.findall(r"^(\d+) passed, (\d+) failed(?:, (\d+) skipped)?\s*$", text, re.M)
    return tuple(int(number or 0) for number in found[-1]) if found else None


def pester_hosts(manifest, packages, frameworks):
    """(name, command, start of the version it must report, up to a dot) of
    each PowerShell that runs the suite: Windows PowerShell 5.1, and the pwsh
    of the tool manifest, as dotnet running its pwsh.dll from the package in
    the global packages folder (frameworks: the folders in its tools folder,
    one). Not through `dotnet tool run`: the tool's command is an IL launcher
    that starts pwsh.dll as a second process, out of reach of the run's time
    limit; and pwsh by name would be the runner's own, not the pinned one."""
    pinned = json.loads(manifest)["tools"]["powershell"]["version"]
    if len(frameworks) != 1:
        raise ValueError("the powershell %s package holds %r, not one framework's folder" % (pinned, frameworks))
    windows_powershell = ntpath.join(os.environ.get("SystemRoot", r"C:\Windows"), "System32", "WindowsPowerShell",
                                     "v1.0", "powershell.exe")
    dll = ntpath.join(packages, "powershell", pinned, "tools", frameworks[0], "any", "win", "pwsh.dll")
    return [("Windows PowerShell 5.1", [windows_powershell], "5.1."),
            ("pwsh %s" % pinned, ["dotnet", dll], pinned + ".")]


# Ways to start pwsh by name: the dotnet tool's command, a command line that
# begins with it, and a Python argument list that does.
PWSH_STARTS = [re.compile(pattern, re.IGNORECASE) for pattern in (
    r"\btool\s+run\s+pwsh\b",
    r"(^|[;&|(]\s*|\brun:\s*)pwsh(\.exe)?(\s|$)",
    r"""["']run["']\s*,\s*["']pwsh(\.exe)?["']""",
    r"""\[\s*["']pwsh(\.exe)?["']""")]


def pwsh_starts(workflow_text, scripts):
    """Where a Windows job of the workflow, or this script (scripts: the text
    of each of its modules by file name), starts pwsh by name, as (where,
    what): a step whose shell is pwsh (GitHub's default on Windows where a
    job names none), or a line that starts it. pwsh by name is the runner's
    own, not the pinned one; the jobs use Windows PowerShell, and this script
    runs dotnet with pwsh.dll."""
    import yaml

    found = []
    workflow = yaml.safe_load(workflow_text)
    shell_of = lambda holder: holder.get("defaults", {}).get("run", {}).get("shell")  # noqa: E731
    for name, job in workflow.get("jobs", {}).items():
        rows = job.get("strategy", {}).get("matrix", {}).get("include", [])
        if not any("windows" in str(runner) for runner in [job.get("runs-on")] + [row.get("runner") for row in rows]):
            continue
        default = shell_of(job) or shell_of(workflow) or "pwsh"
        for number, step in enumerate(job.get("steps", []), 1):
            if "run" not in step:
                continue
            where = "%s step %d (%s)" % (name, number, step.get("name", "unnamed"))
            if step.get("shell", default) == "pwsh":
                found.append((where, "shell: pwsh"))
            found += [(where, line.strip()) for line in step["run"].splitlines()
                      if any(pattern.search(line) for pattern in PWSH_STARTS)]
    found += [("%s line %d" % (script, number), line.strip()) for script, text in scripts.items()
              for number, line in enumerate(text.splitlines(), 1)
              if any(pattern.search(line) for pattern in PWSH_STARTS)]
    return found


def pester_cases():
    """The same Pester suite as on Linux, under each of pester_hosts."""
    listed = subprocess.run(["dotnet", "nuget", "locals", "global-packages", "--list"], capture_output=True,
                            text=True, timeout=120, cwd=ROOT)
    folder = pester_folder(listed.stdout, (ROOT / "tests" / "powershell" / "Pester.csproj").read_text())
    check("Pester, restored from NuGet, is in %s" % folder, os.path.isfile(ntpath.join(folder, "Pester.psd1")))
    suite = str(ROOT / "tests" / "powershell" / "Invoke-Suite.ps1")
    manifest = (ROOT / ".config" / "dotnet-tools.json").read_text()
    tools = Path(global_packages(listed.stdout)) / "powershell" / json.loads(manifest)["tools"]["powershell"]["version"]
    hosts = pester_hosts(manifest, global_packages(listed.stdout),
                         sorted(path.name for path in (tools / "tools").iterdir() if path.is_dir()))
    check("the pinned pwsh.dll is in %s" % hosts[1][1][1], os.path.isfile(hosts[1][1][1]))
    for name, command, version in hosts:
        shown = subprocess.run(command + ["-NoProfile", "-NonInteractive", "-Command",
                                          "$PSVersionTable.PSVersion.ToString()"],
                               capture_output=True, text=True, timeout=300, cwd=ROOT)
        check("%s reports version %s" % (name, version.rstrip(".")), (shown.stdout.strip() + ".").startswith(version),
              shown)
        ran = subprocess.run(command + ["-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-File", suite,
                                        "-PesterPath", folder],
                             capture_output=True, text=True, errors="replace", timeout=900, cwd=ROOT)
        print(ran.stdout + ran.stderr)
        counts = suite_counts(ran.stdout)
        check("the PowerShell suite under %s: exit 0, all passed" % name,
              ran.returncode == 0 and counts is not None and counts[0] > 0 and counts[1] == 0,
              (ran.returncode, counts))
