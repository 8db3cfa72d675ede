// TRQUninstallKit.exe: lets the owner of a Pocket PC try TRQ Uninstall on
// the device. It lays the package out as a fresh install leaves it, with
// placeholder files; holds the package's files open as its running programs
// would, through a copy of itself started as the package's utility; probes
// what deleting a held file answers; and undoes all of it when started
// again. It writes what it does to "\TRQ Uninstall Kit log.txt".
#ifndef TRQ_KIT_KIT_H
#define TRQ_KIT_KIT_H

// The whole program, start to finish. Always returns 0, the exit code.
int RunKit();

#endif
