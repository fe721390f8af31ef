#!/usr/bin/python3
"""Runs one Linux program on behalf of a Windows test running under Wine.

Wine starts a Linux program that a Windows process asks for, but hands out no process handle for
it: the test could neither read its output, nor wait for it, nor stop it. So the test starts this
script with a state directory instead (tests/common/hostprocess.h) and talks to it through files:

    command.json  written by the test: {"argv": [...], "merged": bool, "input": base64}
    input         its standard input, decoded from the command's "input"
    pid           the program runs (or "error" with the reason when it could not be started)
    out, err      its standard output and error (one file "out" when merged)
    stop          written by the test: end the program (SIGTERM, SIGKILL 5 s later)
    exit          its exit status; written last

The program also ends when the state directory disappears. When UPDATER_HOSTRUN_REGISTRY names a
directory, the program's pid is kept there while it runs, so that the test script can end what a
crashed test left behind.
"""
import base64
import json
import os
import shutil
import subprocess
import sys
import time

POLL_SECONDS = 0.05
STOP_GRACE_SECONDS = 5


def write_atomically(path, text):
    with open(path + '.tmp', 'w', encoding='utf-8') as f:
        f.write(text)
    os.replace(path + '.tmp', path)


def main():
    state = sys.argv[1]
    with open(os.path.join(state, 'command.json'), encoding='utf-8') as f:
        command = json.load(f)
    argv = command['argv']
    # The environment Wine hands on is the Windows one; find programs on the usual Linux path.
    if os.sep not in argv[0]:
        argv[0] = shutil.which(argv[0], path='/usr/local/bin:/usr/bin:/bin') or argv[0]
    out = open(os.path.join(state, 'out'), 'wb')
    err = subprocess.STDOUT if command.get('merged') else open(os.path.join(state, 'err'), 'wb')
    # What the program reads on standard input, given all at once and then closed.
    stdin = open(os.path.join(state, 'input'), 'w+b')
    stdin.write(base64.b64decode(command.get('input', '')))
    stdin.seek(0)
    try:
        child = subprocess.Popen(argv, stdin=stdin, stdout=out, stderr=err)
    except OSError as e:
        write_atomically(os.path.join(state, 'error'), str(e))
        return
    registry = os.environ.get('UPDATER_HOSTRUN_REGISTRY')
    entry = os.path.join(registry, str(child.pid)) if registry else None
    if entry:
        write_atomically(entry, ' '.join(argv))
    write_atomically(os.path.join(state, 'pid'), str(child.pid))

    stop = os.path.join(state, 'stop')
    while child.poll() is None:
        if os.path.exists(stop) or not os.path.isdir(state):
            child.terminate()
            try:
                child.wait(STOP_GRACE_SECONDS)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
            break
        time.sleep(POLL_SECONDS)
    if entry:
        os.remove(entry)
    if os.path.isdir(state):
        write_atomically(os.path.join(state, 'exit'), str(child.returncode))


if __name__ == '__main__':
    main()
