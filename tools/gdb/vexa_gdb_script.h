/*
 * vexa_gdb_script.h: makes GDB load the vexa extension together with the
 * program, before it runs, so that `vexa` commands can be given before
 * `run`. Include it in exactly one source file of the program, with
 * VEXA_GDB_PYTHONDIR defined as a string: the directory that holds
 * vexa_gdb/ (share/vexa/gdb of the build or installation).
 *
 * The entry is a .debug_gdb_scripts section record of type 4 (inline
 * Python). GDB runs it only when the program lies in an auto-load safe
 * path (add-auto-load-safe-path DIR); `strip -g` removes it.
 */
#ifndef VEXA_GDB_SCRIPT_H
#define VEXA_GDB_SCRIPT_H

#ifndef VEXA_GDB_PYTHONDIR
#error "define VEXA_GDB_PYTHONDIR to the directory that holds vexa_gdb/"
#endif

__asm__(
    ".pushsection \".debug_gdb_scripts\", \"MS\",@progbits,1\n"
    ".byte 4\n"
    ".ascii \"gdb.inlined-script.vexa\\n\"\n"
    ".ascii \"import sys\\n\"\n"
    ".ascii \"d = '" VEXA_GDB_PYTHONDIR "'\\n\"\n"
    ".ascii \"sys.path.insert(0, d) if d not in sys.path else None\\n\"\n"
    ".ascii \"import vexa_gdb\\n\"\n"
    ".ascii \"vexa_gdb.install()\\n\"\n"
    ".byte 0\n"
    ".popsection\n");

#endif /* VEXA_GDB_SCRIPT_H */
