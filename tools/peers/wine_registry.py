"""Registry keys written into the Wine prefix in the 32-bit view, as the
system's installer writes them, through a .reg file and `wine reg import`."""
import subprocess


def reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def import_registry(keys, reg_file, delete=()):
    """keys maps a full key name to {value name: str, or bytes for a binary
    value}; the keys in delete are removed first. reg_file is a Path for the
    .reg file. Returns the finished `wine reg import`."""
    lines = ["REGEDIT4", ""]
    for key in delete:
        lines += [f"[-{key}]", ""]
    for key, values in keys.items():
        lines.append(f"[{key}]")
        for name, value in values.items():
            if isinstance(value, bytes):
                lines.append(f'"{name}"=hex:' + ",".join(f"{b:02x}" for b in value))
            else:
                lines.append(f'"{name}"={reg_string(value)}')
        lines.append("")
    reg_file.write_bytes("\r\n".join(lines).encode("cp1251") + b"\r\n")
    windows_path = "Z:" + str(reg_file).replace("/", "\\")
    return subprocess.run(["wine", "reg", "import", windows_path, "/reg:32"], capture_output=True, timeout=60)
