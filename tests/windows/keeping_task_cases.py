"""The cases of the task that keeps the limits: its definition, and the scheme
changes and resumes that start it."""
import os
import time
from pathlib import Path

from harness import Run, check, poll, powershell, ps_quote, run_script, skip
from access_rules import ADMINISTRATORS_SID, SYSTEM_SID, removed, security
from power_scheme import powercfg, read_scheme, scheme_restored, write_scheme
from tasks_and_events import (
    RESUME_EVENTS, SCHEME_PROVIDER, TASK, TIME_LIMIT, TRIGGER_DELAY, action_problems, by_powercfg, is_system,
    last_scheme_event, provider_events, read_events, same_path, scheme_events, start_and_wait, subscription_terms,
    task_definition, task_state, unregister, wait_for_run, wait_until_idle)
from windows_api import machine_text


def keeping_task_cases(layout, machine):
    """Register-PacecapTask.ps1 run from a protected copy with -Keeper naming
    the kit's PacecapKeep.exe: the task's definition (the keeper it runs, its
    values, its triggers), another program's change of the scheme undone,
    the keeper's own change not starting the task again, a run that finds
    the values held logging no change of scheme, and -Remove. Skipped
    where a Pacecap task or %ProgramFiles%\\Pacecap is already there; the
    resume trigger's check needs a resume event in the System log, and each
    scheme-change window check skips where a change that the task's keeper
    did not make came within it."""
    installed = Path(os.environ["ProgramFiles"]) / "Pacecap"
    if installed.exists() or task_state(TASK) is not None:
        skip(1, "the task that keeps the limits", "%s or a task %s is already here; both are left alone"
             % (installed, TASK))
        return
    register = layout.kit / "Register-PacecapTask.ps1"
    own = installed / "Task" / "PacecapKeep.exe"  # the task's own copy, which nothing else runs
    with scheme_restored():
        write_scheme(100, 100)
        try:
            ran = run_script(register, "-Keeper", layout.bin / "PacecapKeep.exe", "-PluggedIn", 96, "-OnBattery", 82)
            check("Register-PacecapTask from a protected copy: exit 0", ran.code == 0, ran)
            ran = run_script(register, "-Keeper", own, "-PluggedIn", 96, "-OnBattery", 82)
            check("registered again with -Keeper naming the task's own copy: exit 0, the task there, the same bytes, "
                  "nothing else in its folder", ran.code == 0 and task_state(TASK) is not None
                  and own.read_bytes() == (layout.bin / "PacecapKeep.exe").read_bytes()
                  and [path.name for path in own.parent.iterdir()] == [own.name], ran)
            subscription = task_definition_cases(own, layout, machine)
            scheme_change_cases(own, layout.bin / "Pacecap.exe", subscription)
            wait_until_idle(TASK)
            ran = run_script(register, "-Remove")
            check("-Remove: exit 0, the task and its folder are gone, the values left as they are",
                  ran.code == 0 and task_state(TASK) is None and not own.parent.exists() and read_scheme() == (96, 82),
                  (ran, read_scheme()))
        finally:
            wait_until_idle(TASK)
            unregister(TASK)
            gone = removed(installed)
            check("no task %s and no %s are left behind" % (TASK, installed), task_state(TASK) is None and gone)


def resume_verdict(machine, logged, selected):
    """(passed, detail) of the resume trigger's query: it must select
    exactly the resume events that the System log holds (logged, read by a
    query of our own; selected, by the trigger's). passed is None, and detail
    the reason, where the log holds none, so that nothing can be compared."""
    if logged is None:
        return False, "the System log's resume events could not be read"
    if selected is None:
        return False, "the event log refuses the trigger's query"
    if not logged:
        if not machine.sleep_states and not machine.modern_standby:
            return None, ("the machine has no sleep state and no Modern Standby: it never resumes, so the System log "
                          "holds no resume event to select")
        return None, "the System log holds no resume event yet (%s)" % machine_text(machine)
    wanted, found = sorted(event[0] for event in logged), sorted(event[0] for event in selected)
    return found == wanted, "record ids selected %r, logged %r" % (found, wanted)


def task_definition_cases(own, layout, machine):
    """Checks the registered task's definition, which runs the keeper own;
    returns its scheme-change subscription."""
    exported = powershell("Export-ScheduledTask -TaskName %s" % ps_quote(TASK))
    definition = task_definition(exported.out)
    triggers = definition["triggers"]
    events = [(subscription, delay) for kind, subscription, delay in triggers if kind == "EventTrigger"]
    check("three triggers: at logon and two event triggers, each %s late" % TRIGGER_DELAY,
          sorted(kind for kind, _, _ in triggers) == ["EventTrigger", "EventTrigger", "LogonTrigger"]
          and all(delay == TRIGGER_DELAY for _, delay in events), triggers)
    terms = [(subscription, subscription_terms(subscription)) for subscription, _ in events]
    resume = [(text, found) for text, found in terms if "Microsoft-Windows-Kernel-Power" in found["providers"]]
    scheme = [(text, found) for text, found in terms if SCHEME_PROVIDER in found["providers"]]
    check("the resume trigger selects System-log Power-Troubleshooter 1 and Kernel-Power 107 and 507",
          len(resume) == 1 and resume[0][1]["logs"] == {"System"} and not resume[0][1]["suppress"]
          and resume[0][1]["providers"] == {"Microsoft-Windows-Power-Troubleshooter", "Microsoft-Windows-Kernel-Power"}
          and resume[0][1]["ids"] == {1, 107, 507}, terms)
    logged = read_events(RESUME_EVENTS)
    passed, detail = resume_verdict(machine, logged, read_events(resume[0][0]) if len(resume) == 1 else None)
    name = "the resume trigger's query selects each resume event in the System log, and nothing else"
    if passed is None:
        skip(1, name, detail)
    else:
        check(name + " (%d)" % len(logged or []), passed, detail)
    keeper, users_copy = str(own), str(own.parent.parent / own.name)
    suppress = " ".join(scheme[0][1]["suppress"]).lower() if len(scheme) == 1 else ""
    check("the scheme-change trigger selects UserModePowerService 12 and leaves out %s's changes, not %s's"
          % (keeper, users_copy), len(scheme) == 1 and scheme[0][1]["logs"] == {"System"}
          and scheme[0][1]["providers"] == {SCHEME_PROVIDER} and scheme[0][1]["ids"] == {12}
          and "processpath" in suppress and keeper.lower() in suppress and users_copy.lower() not in suppress, terms)
    problems = action_problems(definition["command"], definition["arguments"],
                               {name.upper(): value for name, value in os.environ.items()}, keeper, 96, 82)
    check("the action runs %s 96 82, nothing else" % keeper, not problems,
          (problems, definition["command"], definition["arguments"]))
    check("it runs as SYSTEM, elevated, for at most a minute", is_system(definition["user"])
          and definition["run_level"] == "HighestAvailable" and definition["time_limit"] == TIME_LIMIT,
          (definition["user"], definition["run_level"], definition["time_limit"]))
    # Only what nobody else can run may have its changes left alone.
    found = {item: security(item) for item in (own.parent, own)}
    closed = [owner == ADMINISTRATORS_SID and rules and not any(rule.inherited for rule in rules)
              and {rule.sid for rule in rules} <= {SYSTEM_SID, ADMINISTRATORS_SID} for owner, rules in found.values()]
    check("%s and its keeper: Administrators own them, only SYSTEM and Administrators have access, "
          "nothing inherited" % own.parent, all(closed), found)
    check("%s is byte for byte the kit's PacecapKeep.exe" % own,
          own.exists() and own.read_bytes() == (layout.bin / own.name).read_bytes())
    return scheme[0][0] if len(scheme) == 1 else None


def foreign_events(events, own_exe, expected=()):
    """The scheme events that neither own_exe nor a record id in expected
    made: each may rightly start the task, one trigger delay later, and
    change the values it finds; within a window that has one, a check that
    the task is not started, or changes nothing, cannot be told."""
    return [event for event in events if event[0] not in expected and not same_path(event[3], str(own_exe))]


def scheme_change_cases(own_exe, user_exe, subscription):
    wait_until_idle(TASK)
    before, mark = task_state(TASK), last_scheme_event()
    # Another program changes the plan, as any user may run Pacecap.exe: the
    # trigger must undo it.
    changed = Run([str(user_exe), "100", "100"])
    started = time.monotonic()
    state = wait_for_run(TASK, before[1], 40)
    now = poll(lambda: read_scheme() == (96, 82), max(1, 40 - (time.monotonic() - started)))
    check("another program's change of the plan (Pacecap.exe 100 100) starts the task within 40 s, which "
          "undoes it: 96 and 82 back (last result 0)", changed.code == 0 and state is not None and state[2] == 0 and now,
          (changed, state, read_scheme()))

    def logged():
        events = scheme_events(mark)
        return events if any(same_path(event[3], str(own_exe)) for event in events) else None
    events = poll(logged, 10) or scheme_events(mark)
    own = [event for event in events if same_path(event[3], str(own_exe))]
    check("the task's change is logged as UserModePowerService 12 with ProcessPath %s" % own_exe, bool(own), events)
    selected = {event[0] for event in (read_events(subscription) or [])} if subscription else set()
    by_user = [event for event in events if same_path(event[3], str(user_exe))]
    check("the trigger's query selects the other program's change and leaves out the keeper's own",
          bool(by_user) and bool(own) and by_user[0][0] in selected and not any(event[0] in selected for event in own),
          (events, sorted(number for number in selected if number > mark)))

    # The suppressed event must not start the task: a new run would begin one
    # trigger delay after it; wait well past that. A change that the task's
    # copy did not make may rightly start it, so then this cannot be told.
    name = "the task's own change does not start it again: no new run within 25 s (the trigger's delay is 10 s)"
    last = (state or task_state(TASK) or (None, None))[1]
    restarted = poll(lambda: (task_state(TASK) or (None, last))[1] != last, 25)
    # The other Pacecap.exe's change is what started the task.
    others = foreign_events(scheme_events(mark), own_exe, {event[0] for event in by_user})
    if others:
        skip(1, name, "scheme changes that the task's copy did not make came meanwhile: %r" % others)
    else:
        check(name, state is not None and not restarted, (state, task_state(TASK)))

    # A run that finds the values set must change nothing. An event it might
    # log would come before the one of a later powercfg call, which the
    # service handles after it: no waiting on the clock.
    mark = last_scheme_event()
    state = start_and_wait(TASK)
    powercfg("/setactive", "SCHEME_CURRENT")

    def up_to_powercfg():
        events = scheme_events(mark)
        return events if any(by_powercfg(event) for event in events) else None
    events = poll(up_to_powercfg, 10) or scheme_events(mark)
    first_tool = next((event[0] for event in events if by_powercfg(event)), None)
    before_tool = [event for event in events if first_tool is None or event[0] < first_tool]
    name = "a task run that finds 96 and 82 held exits 0, and its keeper logs no UserModePowerService 12"
    others = foreign_events(before_tool, own_exe)
    if others:
        skip(1, name, "scheme changes that the task's copy did not make came meanwhile: %r" % others)
    else:
        check(name, state is not None and state[2] == 0 and read_scheme() == (96, 82) and first_tool is not None
              and not before_tool and bool(own), (state, events))
    # powercfg's call starts the task once more; let that run end.
    wait_for_run(TASK, (state or task_state(TASK) or (None, None))[1], 40)
    wait_until_idle(TASK)


def manifest_cases():
    # The scheme-change trigger leaves the keeper's own changes out by this event's ProcessPath.
    scheme = provider_events(SCHEME_PROVIDER, (12,)) or {}
    check("UserModePowerService's manifest declares 12 (reset policy scheme), in the System log, with ProcessPath",
          any(log == "System" and "reset policy scheme" in description.lower() and "ProcessPath" in names
              for log, description, names in scheme.get(12, [])), scheme)
    found = provider_events("Microsoft-Windows-Kernel-Power", (107, 507))
    if found is None:
        skip(1, "Kernel-Power's manifest declares events 107 and 507", "the provider is not registered here")
        return

    def declared(number, *words):
        return any(log == "System" and all(word in description.lower() for word in words)
                   for log, description, _ in found.get(number, []))
    check("Kernel-Power's manifest declares 107 (resumed from sleep) and 507 (exiting standby), in the System log",
          declared(107, "resumed") and declared(507, "exiting", "standby"), found)
