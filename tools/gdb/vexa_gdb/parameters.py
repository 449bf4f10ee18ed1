"""The extension's settings as GDB parameters: `set vexa NAME VALUE`,
`show vexa NAME`. They belong to the GDB session, so they hold across runs."""

import gdb

DEFAULTS = {
    "stop-on-detection": False,
    "verbose": 1,
    "backtrace": 8,
    "print-duplicates": False,
}

_parameters = {}


def get(name):
    parameter = _parameters.get(name)
    return DEFAULTS[name] if parameter is None else parameter.value


class _Parameter(gdb.Parameter):
    def __init__(self, name, kind, doc, set_doc, show_doc, show_text):
        self.__doc__ = doc
        self.set_doc = set_doc
        self.show_doc = show_doc
        self._show_text = show_text
        gdb.Parameter.__init__(self, "vexa " + name, gdb.COMMAND_DATA, kind)
        self.value = DEFAULTS[name]
        _parameters[name] = self

    def get_set_string(self):
        return ""

    def get_show_string(self, svalue):
        return self._show_text % svalue


def install():
    if _parameters:
        return
    _Parameter("stop-on-detection", gdb.PARAM_BOOLEAN,
               "Stop the program at every new detection report.\n"
               "When off (the default) vexa prints the report and the program goes on.",
               "Set whether vexa stops the program at a detection.",
               "Show whether vexa stops the program at a detection.",
               "Stopping at a detection is %s.")
    _Parameter("verbose", gdb.PARAM_ZUINTEGER,
               "How much vexa says besides its reports.\n"
               "0: reports and errors only; 1: also library load and unload and the\n"
               "results of commands (the default); 2: also every stop of the protocol.",
               "Set how much vexa says besides its reports.",
               "Show how much vexa says besides its reports.",
               "The vexa verbosity level is %s.")
    _Parameter("backtrace", gdb.PARAM_ZUINTEGER,
               "How many frames of the stopped thread's stack a report shows.\n"
               "0 shows only the line of the access itself.",
               "Set the number of stack frames in a vexa report.",
               "Show the number of stack frames in a vexa report.",
               "vexa reports show %s frames of the stopped thread.")
    _Parameter("print-duplicates", gdb.PARAM_BOOLEAN,
               "Print reports that repeat an earlier one of the same run.\n"
               "A report repeats another when the same code addresses conflict in the\n"
               "same way; repeats are always counted (see `info vexa`).",
               "Set whether vexa prints repeated reports.",
               "Show whether vexa prints repeated reports.",
               "Printing repeated vexa reports is %s.")
