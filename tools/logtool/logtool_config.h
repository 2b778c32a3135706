// logtool's logger-configuration command.
#pragma once

// verb "read" prints FOLDER\TYPE_N as field=value lines; "write" applies the
// field=value lines of standard input to it (a new logger starts empty) and
// writes it. 0, 1 on a failure, 2 on bad arguments.
int LoggerConfigCommand(const char *verb, const char *folder, const char *typeName, const char *number);
