#!/bin/sh
# MorvikCore as a shell script, as a packager may ship a wrapper that sets up the engine: started
# as `MorvikCore ADDRESS`, it says so on stderr and runs until SIGTERM.
echo "MorvikCore (script) started for $1" >&2
exec sleep 1000000
