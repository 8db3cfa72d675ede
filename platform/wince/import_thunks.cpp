// How the device code reaches COREDLL on a Pocket PC. Every call of the list
// in device/device_calls.h gets
//   - a slot in the import address table, __imp_<name>, in a section of its
//     own under .idata: the loader writes the export's address there;
//   - a thunk, <name>, that the device code calls: it jumps through the slot
//     and leaves lr alone, so COREDLL returns straight to the caller.
// A call the program never makes loses its thunk and its slot to the
// linker's garbage collection, so the image imports only what it calls; the
// uninstaller, which calls only its own tier's, imports exactly those.
// elf-to-wince writes the import directory for the slots it finds.
#ifndef TRQ_DEVICE_ALL_CALLS
#define TRQ_DEVICE_ALL_CALLS
#endif
#include "device/device.h"

#define TRQ_IMPORT_THUNK(type, name, params, args, faults, success, kinds) \
    asm(".pushsection .text.import." #name ",\"ax\",%progbits\n" \
        "\t.global " #name "\n"                             \
        "\t.type " #name ", %function\n"                    \
        "\t.p2align 2\n" #name ":\n"                        \
        "\tldr ip, 1f\n"                                    \
        "\tldr pc, [ip]\n"                                  \
        "1:\t.word __imp_" #name "\n"                       \
        "\t.size " #name ", . - " #name "\n"                \
        ".popsection\n"                                     \
        ".pushsection .idata.iat." #name ",\"aw\",%progbits\n" \
        "\t.global __imp_" #name "\n"                       \
        "\t.p2align 2\n"                                    \
        "__imp_" #name ":\t.word 0\n"                       \
        ".popsection\n");

TRQ_ALL_CALLS(TRQ_IMPORT_THUNK)
