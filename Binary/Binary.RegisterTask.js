// The deferred custom actions RegisterTask and RemoveTask (JScript, run by
// Windows Installer as SYSTEM in its 64-bit script host): each runs the
// installed Register-PacecapTask.ps1 with Windows PowerShell, writes the
// script's first line into the installer log, and fails the install, which
// rolls it back, when the script fails, cannot start or runs too long.
// A script custom action, because Windows Installer logs nothing of what an
// exe custom action prints; Session.Message does.
//
// CustomActionData (SetRegisterTask, SetRemoveTask): FOLDER|SYSTEM64|ARG|...
// FOLDER is the install folder, SYSTEM64 the 64-bit System32 folder, each
// with its trailing backslash; an ARG with an empty value ("-PluggedIn ")
// was not given and is left out, so the script's own default holds.

var kLimitSeconds = 300;
var kInfo = 0x04000000;  // INSTALLMESSAGE_INFO: a line in the log only
var kSuccess = 1, kFailure = 3;  // IDOK, IDABORT

// A PowerShell single-quoted string of text.
function Quoted(text) {
    return "'" + text.replace(/'/g, "''") + "'";
}

// The text goes in field 1, which is not formatted: only field 0 is, where
// "[...]" in the script's output would be read as a property or a field.
function Log(text) {
    var record = Session.Installer.CreateRecord(1);
    record.StringData(0) = "[1]";
    record.StringData(1) = text;
    Session.Message(kInfo, record);
}

function Run() {
    var data = Session.Property("CustomActionData").split("|");
    var script = data[0] + "Register-PacecapTask.ps1";
    var powershell = data[1] + "WindowsPowerShell\\v1.0\\powershell.exe";
    var given = [];
    for (var i = 2; i < data.length; i++) {
        if (!/ $/.test(data[i])) given.push(data[i]);
    }
    var options = "-NoProfile -NonInteractive -ExecutionPolicy Bypass";
    var taskkill = data[1] + "taskkill.exe";
    // The script runs in a child PowerShell that this one stops, with all it
    // started, once the limit has passed: each of them holds this one's
    // output, which is read to its end below. (\" is a double quote inside
    // the quoted -Command argument.)
    var bounded = "$p = Start-Process -FilePath " + Quoted(powershell) + " -ArgumentList " +
        Quoted(options + " -File \\\"" + script + "\\\" " + given.join(" ")) + " -NoNewWindow -PassThru; " +
        "$null = $p.Handle; if (-not $p.WaitForExit(" + kLimitSeconds * 1000 + ")) { " +
        "& " + Quoted(taskkill) + " /PID $p.Id /T /F | Out-Null; " +
        "'Register-PacecapTask.ps1 did not finish within " + kLimitSeconds + " seconds and was stopped'; exit 1 }; " +
        "exit $p.ExitCode";
    var run;
    try {
        run = new ActiveXObject("WScript.Shell").Exec("\"" + powershell + "\" " + options + " -Command \"" + bounded + "\"");
    } catch (error) {
        Log("Register-PacecapTask.ps1 " + given.join(" ") + ": " + powershell + " could not start: " + error.message);
        return kFailure;
    }
    var output;
    try {
        // Ends when both PowerShells have closed their output, which the limit bounds.
        output = run.StdOut.AtEndOfStream ? "" : run.StdOut.ReadAll();
    } catch (error) {
        Log("Register-PacecapTask.ps1 " + given.join(" ") + ": its output could not be read: " + error.message);
        return kFailure;
    }
    // Its output has closed, so the process is ending: a moment at most.
    for (var until = new Date().getTime() + 10000; run.Status == 0 && new Date().getTime() < until;) {
    }
    if (run.Status == 0) {
        Log("Register-PacecapTask.ps1 " + given.join(" ") + ": its output ended, but PowerShell did not");
        return kFailure;
    }
    var first = output.split(/\r?\n/)[0];
    Log("Register-PacecapTask.ps1 " + given.join(" ") + ": exit code " + run.ExitCode + ": " + (first || "(no output)"));
    return run.ExitCode == 0 ? kSuccess : kFailure;
}
