// Resource numbers of vestrel.exe, shared by vestrel.rc and the code.
#pragma once

// The application icon: the lowest number, so that the shell shows it for the program.
#define IDI_VESTREL 1

// The pictures of the six speed buttons, in button order (open, connect, erase, program, verify,
// run), each an icon with the sizes that the usual DPI settings need.
#define IDI_OPEN_PICTURE 101
#define IDI_CONNECT_PICTURE 102
#define IDI_ERASE_PICTURE 103
#define IDI_PROGRAM_PICTURE 104
#define IDI_VERIFY_PICTURE 105
#define IDI_RUN_PICTURE 106
