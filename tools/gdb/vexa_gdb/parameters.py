"""The extension's settings as GDB parameters: `set vexa NAME VALUE`,
`show vexa NAME`. They belong to the GDB session, so they hold across runs."""

import gdb

DEFAULTS = {
    "stop-on-detection": False,
    "verbose": 1,
    "backtrace": 8,
    "print-duplicates": False,
    "json": "",
    "sarif": "",
    "html": "",
}

_parameters = {}


def get(name):
    parameter = _parameters.get(name)
    return DEFAULTS[name] if parameter is None else parameter.value


class _Parameter(gdb.Parameter):
    def __init__(self, name, kind, doc, set_doc, show_doc, show_text, on_set=None):
        self._on_set = on_set
        self.__doc__ = doc
        self.set_doc = set_doc
        self.show_doc = show_doc
        self._show_text = show_text
        gdb.Parameter.__init__(self, "vexa " + name, gdb.COMMAND_DATA, kind)
        self.value = DEFAULTS[name]
        _parameters[name] = self

    def get_set_string(self):
        if self._on_set is not None:
            self._on_set()
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
               "Stop and print at every occurrence of a report, not only at the first.\n"
               "Off (the default): the library stops the program once per distinct report\n"
               "(the same pair of code addresses sharing data, the same function entered\n"
               "again) and counts the repeats itself; they are shown at exit as \"reported\n"
               "once, seen N times\". On: every repeat is a stop of the program in GDB,\n"
               "about 1 ms each with two threads and up to 10 ms with eight, so a run\n"
               "with many repeats can take hundreds of times longer.",
               "Set whether vexa stops and prints at every repeated report.",
               "Show whether vexa stops and prints at every repeated report.",
               "Printing repeated vexa reports is %s.", on_set=_words_changed)
    _Parameter("json", gdb.PARAM_STRING,
               "A file that receives one JSON object per line and distinct report when\n"
               "the program ends (kind, both sides with pc, function, file, line, thread,\n"
               "task, size, address, symbol, and how often it was seen). Empty: none.",
               "Set the file of vexa's JSON reports.",
               "Show the file of vexa's JSON reports.",
               "vexa's JSON reports go to \"%s\".")
    _Parameter("sarif", gdb.PARAM_STRING,
               "A SARIF 2.1.0 file written when the program ends: one result per distinct\n"
               "report, both accesses as locations, their stacks as code flows. Empty: none.",
               "Set the file of vexa's SARIF reports.",
               "Show the file of vexa's SARIF reports.",
               "vexa's SARIF reports go to \"%s\".")
    _Parameter("html", gdb.PARAM_STRING,
               "A self-contained HTML page written when the program ends: every distinct\n"
               "report with both stacks and the source lines around them. Empty: none.",
               "Set the file of vexa's HTML report.",
               "Show the file of vexa's HTML report.",
               "vexa's HTML report goes to \"%s\".")


def _words_changed():
    from .session import session
    session.words_changed()
