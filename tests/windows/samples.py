"""Hand-made samples of what Windows gives: a task's definition, a
subscription, events, a PE image, an installer log."""


SAMPLE_TASK = """<?xml version="1.0" encoding="UTF-16"?>
<Task version="1.4" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">
  <Triggers>
    <LogonTrigger><Enabled>true</Enabled></LogonTrigger>
    <EventTrigger><Enabled>true</Enabled><Subscription>&lt;QueryList&gt;&lt;Query Id="0" Path="System"&gt;&lt;Select\
 Path="System"&gt;*[System[Provider[@Name='A'] and EventID=1]]&lt;/Select&gt;&lt;/Query&gt;&lt;/QueryList&gt;\
</Subscription><Delay>PT10S</Delay></EventTrigger>
  </Triggers>
  <Principals><Principal id="Author"><UserId>S-1-5-18</UserId><RunLevel>HighestAvailable</RunLevel></Principal>\
</Principals>
  <Settings><ExecutionTimeLimit>PT1M</ExecutionTimeLimit></Settings>
  <Actions Context="Author"><Exec><Command>"%ProgramFiles%\\Pacecap\\PacecapKeep.exe"</Command>\
<Arguments>96 82</Arguments></Exec></Actions>
</Task>"""

SAMPLE_SUBSCRIPTION = ("<QueryList><Query Id=\"0\" Path=\"System\"><Select Path=\"System\">*[System[Provider["
                       "@Name='Microsoft-Windows-Power-Troubleshooter'] and EventID=1]] or *[System[Provider["
                       "@Name='Microsoft-Windows-Kernel-Power'] and (EventID=107 or EventID=507)]]</Select>"
                       "<Suppress Path=\"System\">*[EventData[Data[@Name='ProcessPath']='C:\\x.exe']]</Suppress>"
                       "</Query></QueryList>")

SAMPLE_EVENTS = ("<Events><Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>"
                 "<Provider Name='Microsoft-Windows-UserModePowerService'/><EventID>12</EventID>"
                 "<EventRecordID>42</EventRecordID></System><EventData><Data Name='ProcessPath'>"
                 "C:\\Windows\\System32\\powercfg.exe</Data><Data Name='ProcessId'>4800</Data></EventData></Event>"
                 "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>"
                 "<Provider Name='Microsoft-Windows-Kernel-Power'/><EventID Qualifiers='0'>107</EventID>"
                 "<EventRecordID>7</EventRecordID></System></Event></Events>")


def pe_sample(machine):
    """The first bytes of a PE image for machine, as far as pe_machine reads."""
    return b"MZ" + bytes(0x3A) + (0x40).to_bytes(4, "little") + b"PE\0\0" + machine.to_bytes(2, "little")


SAMPLE_LOG = """\
MSI (s) (A4:38) [10:01:02:003]: Product: Pacecap -- A newer Pacecap is installed already.
Action ended 10:01:02: LaunchConditions. Return value 3.
MSI (s) (A4:38) [10:01:02:010]: Product: Pacecap -- Installation failed.
MSI (s) (A4:38) [10:01:02:011]: Windows Installer installed the product. Product Name: Pacecap. Product Version: \
1.0.0.0. Product Language: 1033. Manufacturer: M. Installation success or error status: 1603.
"""
