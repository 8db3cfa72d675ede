// The first record of each run of TRQUninstallTrace.exe, written by its
// entry before the uninstaller starts: which device code this is (the
// build's TRQ_DEVICE_CODE_ID) and what the device says of itself, as
// COREDLL reports it:
//
//   {"trace":"TRQ Uninstall","build":"<device code id>",
//    "os":{"major":5,"minor":2,"build":1236,"platform":3,"csd":""},
//    "platformType":"PocketPC","oem":"..."}
//
// "os" is GetVersionExW's answer, "platformType" and "oem" those of
// SystemParametersInfoW (SPI_GETPLATFORMTYPE, SPI_GETOEMINFO); each is null
// when its call failed.
#ifndef TRQ_PLATFORM_TRACE_TRACE_START_H
#define TRQ_PLATFORM_TRACE_TRACE_START_H

void WriteTraceStart();

#endif
