// Finds a processor's library or program in the product's binary folders.
#pragma once

// The file "<name>" or "%.5s_%.2s" (name, suffix), with ".dll" (here also
// ".so"), looked for in the local TSQ_BIN folder, the server's TSQ_BIN folder
// (a server other than this computer), then the program's folder, the working
// folder and the folders of PATH. "dudi" and "vantx" followed by a decimal
// number are reduced to "dudi" and "vantx". The full path in a buffer of the
// calling thread, or NULL.
const char *srv_FindModuleDll(const char *server, const char *name, const char *suffix);
// The same for ".exe" (here also the bare name); the path comes enclosed in
// double quotation marks.
const char *srv_FindModuleExe(const char *server, const char *name, const char *suffix);
