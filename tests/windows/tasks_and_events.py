"""Scheduled tasks and the System log: a task's state, runs as SYSTEM, a
task's definition, and the events that start it."""
import os
import re
import xml.etree.ElementTree as ET

from harness import Ran, poll, powershell, ps_quote
from access_rules import ADMINISTRATORS_SID, SYSTEM_SID, icacls


TASK = "Pacecap"  # the task that Register-PacecapTask.ps1 makes
CHECK_TASK = "PacecapCheck"
SYSTEM_TASK = "PacecapTestAsSystem"
TASK_NS = {"t": "http://schemas.microsoft.com/windows/2004/02/mit/task"}
EVENT_NS = "{http://schemas.microsoft.com/win/2004/08/events/event}"
SCHEME_PROVIDER = "Microsoft-Windows-UserModePowerService"
SCHEME_EVENTS = "*[System[Provider[@Name='%s'] and EventID=12]]" % SCHEME_PROVIDER
# The resume events, as the manifests declare them, in a query of our own.
RESUME_EVENTS = ("*[System[(Provider[@Name='Microsoft-Windows-Power-Troubleshooter'] and EventID=1)"
                 " or (Provider[@Name='Microsoft-Windows-Kernel-Power'] and (EventID=107 or EventID=507))]]")
TRIGGER_DELAY = "PT10S"
TIME_LIMIT = "PT1M"  # the keeper never waits: a run that outlasts this hangs


# --- Scheduled tasks and the System log -------------------------------------

def parse_task_state(text):
    """(state, last run time in ticks, last result) from task_state's line."""
    parts = text.split()
    return (parts[0], int(parts[1]), int(parts[2])) if len(parts) == 3 else None


def task_state(name):
    """(state, last run time in ticks, last result) of a task, or None when
    there is no such task."""
    return parse_task_state(powershell(
        "$task = Get-ScheduledTask -TaskName %s -ErrorAction SilentlyContinue\n"
        "if ($task) {\n"
        "    $info = $task | Get-ScheduledTaskInfo\n"
        "    '{0} {1} {2}' -f $task.State, [int64]$info.LastRunTime.Ticks, [int64]$info.LastTaskResult\n"
        "}" % ps_quote(name)).out)


def wait_for_run(name, before, timeout):
    """The task's state once a run that started after `before` (a last run
    time in ticks) has ended, or None when none has within timeout."""
    def ended():
        state = task_state(name)
        return state if state and state[1] != before and state[0] not in ("Running", "Queued") else None
    return poll(ended, timeout)


def wait_until_idle(name, timeout=60):
    return poll(lambda: (task_state(name) or ("gone",))[0] not in ("Running", "Queued"), timeout)


def start_and_wait(name, timeout=60):
    before = task_state(name)
    started = powershell("Start-ScheduledTask -TaskName %s" % ps_quote(name))
    return wait_for_run(name, before[1] if before else None, timeout) if started.code == 0 else None


def unregister(name):
    powershell("Unregister-ScheduledTask -TaskName %s -Confirm:$false -ErrorAction SilentlyContinue" % ps_quote(name))


def register_system_task(name, execute, argument=""):
    """Registers a task that runs execute as SYSTEM, on battery as well."""
    return powershell(
        "$action = New-ScheduledTaskAction -Execute %s%s\n"
        "$principal = New-ScheduledTaskPrincipal -UserId '%s' -LogonType ServiceAccount -RunLevel Highest\n"
        "$settings = New-ScheduledTaskSettingsSet -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries"
        " -ExecutionTimeLimit (New-TimeSpan -Minutes 5)\n"
        "Register-ScheduledTask -TaskName %s -Action $action -Principal $principal -Settings $settings -Force"
        " -ErrorAction Stop | Out-Null"
        % (ps_quote(execute), " -Argument " + ps_quote(argument) if argument else "", SYSTEM_SID, ps_quote(name)))


# Run by a task as SYSTEM: runs one script as Intune does and keeps its
# output, then its exit code, each in a file beside this one. The code file
# appears by a rename, so once it is there both are complete.
SYSTEM_WRAPPER = """\
$ErrorActionPreference = 'Continue'
$powershell = Join-Path $env:SystemRoot 'System32\\WindowsPowerShell\\v1.0\\powershell.exe'
$lines = @(& $powershell -NoProfile -NonInteractive -ExecutionPolicy Bypass -File %(script)s %(args)s 2>&1 |
    ForEach-Object { "$_" })
$code = $LASTEXITCODE
[IO.File]::WriteAllText(%(output)s, ($lines -join "`r`n"))
[IO.File]::WriteAllText(%(pending)s, "$code")
Move-Item -LiteralPath %(pending)s -Destination %(done)s
exit $code
"""


def run_as_system(folder, script, *args, timeout=120):
    """Runs a roll-out script as SYSTEM, by powershell.exe -File as Intune
    does, through a temporary task; returns Ran(exit code, output, ""). The
    wrapper the task starts, and what it writes, are in folder (new, under
    the job's protected folder)."""
    folder.mkdir()
    output, pending, done = folder / "output.txt", folder / "code.tmp", folder / "code.txt"
    wrapper = folder / "run.ps1"
    wrapper.write_text(SYSTEM_WRAPPER % {
        "script": ps_quote(script), "args": " ".join(ps_quote(arg) for arg in args), "output": ps_quote(output),
        "pending": ps_quote(pending), "done": ps_quote(done)}, encoding="utf-8-sig")
    icacls(folder, "/setowner", "*%s" % ADMINISTRATORS_SID, "/T")
    powershell_exe = os.path.join(os.environ["SystemRoot"], "System32", "WindowsPowerShell", "v1.0", "powershell.exe")
    registered = register_system_task(SYSTEM_TASK, powershell_exe,
                                      '-NoProfile -NonInteractive -ExecutionPolicy Bypass -File "%s"' % wrapper)
    try:
        if registered.code != 0:
            raise RuntimeError("the task could not be registered: %s" % registered.err)
        started = powershell("Start-ScheduledTask -TaskName %s" % ps_quote(SYSTEM_TASK))
        if started.code != 0:
            raise RuntimeError("the task could not be started: %s" % started.err)
        if not poll(done.exists, timeout, 0.5):
            raise RuntimeError("no exit code within %d s; task state %r" % (timeout, task_state(SYSTEM_TASK)))
        wait_until_idle(SYSTEM_TASK)
        return Ran(int(done.read_text()), output.read_text(encoding="utf-8", errors="replace").strip(), "")
    finally:
        unregister(SYSTEM_TASK)


def parse_events(text):
    """(record id, provider, event id, ProcessPath or None) of each event in
    the list that read_events prints, oldest first."""
    events = []
    for event in ET.fromstring(text).iter(EVENT_NS + "Event"):
        system = event.find(EVENT_NS + "System")
        path = None
        for data in event.iter(EVENT_NS + "Data"):
            if data.get("Name") == "ProcessPath":
                path = data.text
        events.append((int(system.findtext(EVENT_NS + "EventRecordID")), system.find(EVENT_NS + "Provider").get("Name"),
                       int(system.findtext(EVENT_NS + "EventID")), path))
    return sorted(events)


def read_events(query):
    """The System-log events that query (an XPath or a structured query, as
    a task's subscription is) selects, by the event log's own reader; None
    when the reader refuses the query (any error stops the command)."""
    ran = powershell(
        "$ErrorActionPreference = 'Stop'\n"
        "$query = New-Object System.Diagnostics.Eventing.Reader.EventLogQuery -ArgumentList 'System',"
        " ([System.Diagnostics.Eventing.Reader.PathType]::LogName), %s\n"
        "$reader = New-Object System.Diagnostics.Eventing.Reader.EventLogReader -ArgumentList $query\n"
        "$text = New-Object System.Text.StringBuilder\n"
        "[void]$text.Append('<Events>')\n"
        "while ($null -ne ($record = $reader.ReadEvent())) { [void]$text.Append($record.ToXml()); $record.Dispose() }\n"
        "[void]$text.Append('</Events>')\n"
        "$text.ToString()" % ps_quote(query))
    return parse_events(ran.out) if ran.code == 0 else None


def scheme_events(after):
    """The active-scheme events (UserModePowerService 12) logged after record
    id `after`, oldest first."""
    return [event for event in read_events(SCHEME_EVENTS) or [] if event[0] > after]


def last_scheme_event():
    return max((event[0] for event in read_events(SCHEME_EVENTS) or []), default=0)


def same_path(a, b):
    return a is not None and b is not None and a.replace("/", "\\").lower() == b.replace("/", "\\").lower()


def by_powercfg(event):
    return (event[3] or "").lower().endswith("\\powercfg.exe")


# --- A task's definition ------------------------------------------------------

def task_definition(text):
    """Triggers (kind, subscription, delay), the first action's command and
    arguments, the principal's user and run level and the time limit of a
    task's XML definition."""
    task = ET.fromstring(re.sub(r"^\s*<\?xml[^>]*\?>", "", text))
    triggers = [(trigger.tag.split("}")[-1], trigger.findtext("t:Subscription", None, TASK_NS),
                 trigger.findtext("t:Delay", None, TASK_NS)) for trigger in task.find("t:Triggers", TASK_NS)]
    return {"triggers": triggers,
            "command": task.findtext("t:Actions/t:Exec/t:Command", "", TASK_NS),
            "arguments": task.findtext("t:Actions/t:Exec/t:Arguments", "", TASK_NS),
            "user": task.findtext("t:Principals/t:Principal/t:UserId", "", TASK_NS),
            "run_level": task.findtext("t:Principals/t:Principal/t:RunLevel", "", TASK_NS),
            "time_limit": task.findtext("t:Settings/t:ExecutionTimeLimit", None, TASK_NS)}


def subscription_terms(text):
    """Of an event subscription (a structured query): the logs its Select
    and Suppress elements read, the providers and event ids its Selects
    name, and the text of its Suppress elements."""
    query = ET.fromstring(text)
    selects, suppresses = query.findall("Query/Select"), query.findall("Query/Suppress")
    selected = " ".join(element.text or "" for element in selects)
    return {"logs": {element.get("Path") for element in selects + suppresses},
            "providers": set(re.findall(r"@Name\s*=\s*'([^']+)'", selected)),
            "ids": {int(number) for number in re.findall(r"EventID\s*=\s*(\d+)", selected)},
            "suppress": [element.text or "" for element in suppresses]}


def split_arguments(text):
    """A command line's arguments, double quotes around one removed."""
    return [token[1:-1] if token.startswith('"') else token for token in re.findall(r'"[^"]*"|\S+', text)]


def action_problems(command, arguments, env, keeper, plugged_in, on_battery):
    """What keeps a task's action from running keeper with plugged_in and
    on_battery as its only arguments; [] when nothing does. env expands
    %VARIABLE% references as the task would."""
    expanded = re.sub(r"%([^%]+)%", lambda match: env.get(match.group(1).upper(), match.group(0)), command)
    problems = [] if same_path(expanded.strip('"'), keeper) else ["command %r is not %s" % (command, keeper)]
    # Unquoted, a path with spaces reaches the keeper split at them, and
    # Windows would try C:\Program.exe first.
    if " " in expanded and not (expanded.startswith('"') and expanded.endswith('"')):
        problems.append("command %r holds spaces but no quotes" % command)
    if split_arguments(arguments) != [str(plugged_in), str(on_battery)]:
        problems.append("arguments %r are not %s %s" % (arguments, plugged_in, on_battery))
    return problems


def is_system(user):
    return user.upper() in (SYSTEM_SID, "SYSTEM", "NT AUTHORITY\\SYSTEM")


def parse_provider_events(text):
    """{event id: [(log, description, data names)]} from provider_events' lines."""
    found = {}
    for line in text.splitlines():
        number, log, description, names = (line.split("\t") + ["", "", ""])[:4]
        found.setdefault(int(number), []).append((log, description, tuple(name for name in names.split(",") if name)))
    return found


def provider_events(provider, ids):
    """The events ids of provider as its manifest declares them, through the
    event log's documented metadata classes: {id: [(log, description, the
    names of its data)]}; None when no such provider is registered."""
    ran = powershell(
        "$ErrorActionPreference = 'Stop'\n"
        "$name = %s\n"
        "if (@([System.Diagnostics.Eventing.Reader.EventLogSession]::GlobalSession.GetProviderNames())"
        " -notcontains $name) { 'absent'; exit 0 }\n"
        "$metadata = New-Object System.Diagnostics.Eventing.Reader.ProviderMetadata -ArgumentList $name\n"
        "foreach ($item in $metadata.Events) {\n"
        "    if (@(%s) -contains $item.Id) {\n"
        "        $names = @([regex]::Matches([string]$item.Template, '<data\\s+name=\"([^\"]+)\"') | ForEach-Object { $_.Groups[1].Value })\n"
        "        \"{0}`t{1}`t{2}`t{3}\" -f $item.Id, $item.LogLink.LogName, ($item.Description -replace '\\s+', ' '), ($names -join ',')\n"
        "    }\n"
        "}" % (ps_quote(provider), ", ".join(str(number) for number in ids)))
    if ran.code != 0:
        raise RuntimeError("the manifest of %s could not be read: %s" % (provider, ran.err))
    return None if ran.out == "absent" else parse_provider_events(ran.out)
