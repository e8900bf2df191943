"""What Pacecap prints, byte for byte, under Wine and on Windows alike."""

USAGE = (b"Pacecap - sets max CPU percent values in the current power profile\r\n"
         b"Freeware by The Pacecap Project - https://pacecap.example\r\n\r\n"
         b"Usage: Pacecap PluggedIn_Percent [OnBattery_Percent]\r\n\r\n"
         b"Sample: Pacecap 99 80\r\n"
         b"no admin privileges required\r\n")
INVALID = b"invalid value -> abort\r\n"


def values(plugged_in, on_battery):
    return b"\r\nplugged-in value is %d%%\r\non-battery value is %d%%\r\n\r\n" % (plugged_in, on_battery)


def set_lines(plugged_in, on_battery=None, applied=True):
    out = b"plugged-in value set to %d%%\r\n" % plugged_in
    if on_battery:
        out += b"on-battery value set to %d%%\r\n" % on_battery
    return out + (b"Changes applied\r\n" if applied else b"Error: Failed to apply changes!\r\n")
