#!/bin/sh
# The shell through which vexa-gdb's GDB starts the program: the program
# gets the standard input, output and error that vexa-gdb was given (held
# on descriptors 4, 3 and 5), so GDB's and vexa's output stay apart from it.
exec 0<&4 1>&3 2>&5 3>&- 4<&- 5>&-
# GDB runs "$SHELL -c 'exec PROGRAM ARGS'". The command is evaluated by this
# very shell, so that the program is the one exec after the shell's that GDB
# expects: another shell in between made GDB take that shell for the
# program and place breakpoints at unrelocated addresses of a PIE program.
[ "$1" = -c ] && shift
eval "$1"
