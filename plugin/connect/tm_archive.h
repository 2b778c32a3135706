// Saving the current configuration folder (the process's working folder)
// and its neighbour folders into an archive: ".tsq" a tar file compressed
// with "compress", ".tar" a tar file, any other name a zip made by the qfzip
// tool of TSQ_BIN. Archive programs run without a shell.
#pragma once

// 0, or -1 with the error in the error variable. `unused` is not read;
// includeExtra adds the edition folders (or the "ExtraSaveDirs" list).
int tm_ArchiveConfig(const char *archive, const char *unused, int includeExtra);
