#!/usr/bin/env python3
"""The Windows installer under Wine, in a fresh prefix of its own: a silent
install (/S, with /SERVICE) puts both programs, FFmpeg's DLLs, the page, the
licence and the notices of every bundled library under Program Files, a
Start menu entry that starts the server in its folder, and the service
"Tiloran". The service, started by the service manager, answers /api/health
and serves the page, and stops in order when the manager stops it (exit code
0); so does the installed server started as the Start menu entry starts it
(Ctrl+C). The silent uninstall then leaves none of the installed files, no
Start menu entry, no service and no uninstall entry behind, and the user's
configuration where it was.

    installer_test.py WINE64 INSTALLER
"""

import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import urllib.request

from stream_test import GENEROUS_S, Failure, wait_until

# What must be there besides the programs: the DLLs the worker loads and the
# notices of every library compiled or linked into the programs.
EXPECTED = ["tiloran_server.exe", "zenvo_tiloran_worker.exe", "avcodec-59.dll", "avformat-59.dll",
            "avutil-57.dll", "swscale-6.dll", "swresample-4.dll", "WEB/index.html", "LICENSE.txt",
            "uninstall.exe", "notices/SOURCES.txt", "notices/cpp-httplib.copyright",
            "notices/nlohmann-json.copyright", "notices/mingw-w64-runtime.copyright"]
NOTICE_DIRECTORIES = ["ffmpeg", "x264", "srt", "mbedtls", "libyuv"]


def files_under(directory):
    return sorted(os.path.relpath(os.path.join(root, name), directory)
                  for root, _, names in os.walk(directory) for name in names)


def health(url):
    try:
        with urllib.request.urlopen(url, timeout=5) as answer:
            return answer.status == 200
    except OSError:
        return False


def running(program):
    """Whether a process of that program (a Windows program under Wine) runs."""
    for entry in os.listdir("/proc"):
        try:
            with open(os.path.join("/proc", entry, "cmdline"), "rb") as cmdline:
                # A Windows program shows its Windows path first.
                first = cmdline.read().split(b"\0")[0]
                if b"\\" in first and first.lower().endswith(program.lower().encode()):
                    return True
        except OSError:
            pass
    return False


def serves_page(program_dir):
    """The server on port 3000 answers /api/health and serves the installed page."""
    if not wait_until(lambda: health("http://127.0.0.1:3000/api/health"), GENEROUS_S):
        return False
    with urllib.request.urlopen("http://127.0.0.1:3000/", timeout=GENEROUS_S) as answer:
        return answer.read() == open(os.path.join(program_dir, "WEB", "index.html"), "rb").read()


def main():
    wine64, installer = sys.argv[1], sys.argv[2]
    wineserver = os.path.join(os.path.dirname(wine64), "wineserver64")
    directory = tempfile.mkdtemp()
    prefix = os.path.join(directory, "prefix")
    environment = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEARCH="win64",
                       WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=")
    environment.pop("DISPLAY", None)
    server = None

    # Wine's own processes (the service manager, ...) keep whatever output
    # they were started with; only sc.exe's, which has ended, is read.
    def wine(*arguments):
        subprocess.run([wine64, *arguments], env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=GENEROUS_S)

    def service_state():
        query = subprocess.run([wine64, "sc.exe", "query", "Tiloran"], env=environment, capture_output=True,
                               timeout=GENEROUS_S).stdout.decode(errors="replace")
        found = re.search(r"STATE\s*:\s*\d+\s+(\w+)", query)
        return (found.group(1) if found else None), query

    try:
        if not os.path.isfile(installer):
            raise Failure(f"no installer {installer}")
        wine("wineboot.exe", "--init")
        subprocess.run([wineserver, "-w"], env=environment, timeout=GENEROUS_S)
        # One wineserver for the rest: Wine ends a service with the last
        # program of the prefix otherwise.
        subprocess.run([wineserver, "-p"], env=environment, timeout=GENEROUS_S)
        # The launcher returns before the installer has ended.
        wine(installer, "/S", "/SERVICE")
        if not wait_until(lambda: not running(os.path.basename(installer)), GENEROUS_S):
            raise Failure("the installer did not end")

        program_dir = os.path.join(prefix, "drive_c", "Program Files", "Tiloran")
        shortcut = os.path.join(prefix, "drive_c", "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs",
                                "Tiloran", "Tiloran server.lnk")
        installed = files_under(program_dir) if os.path.isdir(program_dir) else []
        missing = [name for name in EXPECTED if os.path.normpath(name) not in installed]
        missing += [f"notices/{name}/" for name in NOTICE_DIRECTORIES
                    if not any(path.startswith(os.path.join("notices", name, "")) for path in installed)]
        if missing:
            raise Failure(f"not installed: {missing}; installed: {installed}")
        web = files_under(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "WEB"))
        if [path for path in installed if path.startswith("WEB" + os.sep)] != [os.path.join("WEB", p) for p in web]:
            raise Failure(f"the page's files differ from WEB: {installed}")
        if not os.path.isfile(shortcut):
            raise Failure("no Start menu entry")
        link = open(shortcut, "rb").read()
        if "C:\\Program Files\\Tiloran\\tiloran_server.exe".encode("utf-16-le") not in link:
            raise Failure("the Start menu entry does not start the installed server")
        print(f"installed {len(installed)} files", flush=True)

        # The service, started and stopped by the service manager.
        if service_state()[0] != "STOPPED":
            raise Failure(f"no stopped service Tiloran after the install: {service_state()[1]}")
        wine("sc.exe", "start", "Tiloran")
        if not serves_page(program_dir):
            raise Failure(f"the service does not serve the page: {service_state()[1]}")
        wine("sc.exe", "stop", "Tiloran")
        if not wait_until(lambda: service_state()[0] == "STOPPED", GENEROUS_S):
            raise Failure(f"the service did not stop: {service_state()[1]}")
        if not re.search(r"WIN32_EXIT_CODE\s*:\s*0\b", service_state()[1]):
            raise Failure(f"the service stopped out of order: {service_state()[1]}")
        if not wait_until(lambda: not health("http://127.0.0.1:3000/api/health"), GENEROUS_S):
            raise Failure("the stopped service still answers")

        # As the Start menu entry starts it: in its folder, in user mode.
        log_path = os.path.join(directory, "server.log")
        with open(log_path, "wb") as log:
            server = subprocess.Popen([wine64, "C:\\Program Files\\Tiloran\\tiloran_server.exe"], cwd=program_dir,
                                      env=environment, stdout=log, stderr=subprocess.STDOUT)
        if not serves_page(program_dir) or server.poll() is not None:
            raise Failure("the installed server does not serve the page:\n" + open(log_path).read())
        server.send_signal(signal.SIGINT)
        if server.wait(GENEROUS_S) != 0:
            raise Failure("the installed server did not stop with exit code 0:\n" + open(log_path).read())
        server = None

        # The user's configuration, where the server in user mode keeps it.
        roaming = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Roaming"))
        if len(roaming) != 1:
            raise Failure(f"no one user's APPDATA: {roaming}")
        configuration = os.path.join(roaming[0], "KV_TILORAN", "Encoder", "worker_config.json")
        os.makedirs(os.path.dirname(configuration))
        with open(configuration, "w") as file:
            file.write('{"quadrants": []}\r\n')

        # The uninstaller goes on in a copy of itself (Un_A.exe) once it has returned.
        wine("C:\\Program Files\\Tiloran\\uninstall.exe", "/S")
        wait_until(lambda: not os.path.exists(program_dir) and not running("Un_A.exe"), GENEROUS_S)
        left = [name for name in installed if os.path.exists(os.path.join(program_dir, name))]
        if left or os.path.exists(program_dir):
            raise Failure(f"left after uninstalling: {left or files_under(program_dir)}")
        if os.path.exists(os.path.dirname(shortcut)):
            raise Failure("the Start menu entry is left")
        if "Uninstall\\\\Tiloran" in open(os.path.join(prefix, "system.reg"), encoding="utf-8", errors="replace").read():
            raise Failure("the uninstall entry is left")
        if service_state()[0] is not None:
            raise Failure(f"the service is left: {service_state()[1]}")
        if not os.path.isfile(configuration):
            raise Failure("the user's configuration was removed")
        print("installer_test: installed, served the page, uninstalled every installed file", flush=True)
        return 0
    except (Failure, subprocess.TimeoutExpired) as failure:
        print(f"FAILED: {failure}", flush=True)
        return 1
    finally:
        if server and server.poll() is None:
            server.kill()
            server.wait()
        subprocess.run([wineserver, "-k"], env=environment)
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
