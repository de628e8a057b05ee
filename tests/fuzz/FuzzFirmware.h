// A minimal firmware for fuzz targets that call the application's code: a
// console that drops its text (Print works), and boot services with pool
// memory (malloc, so the sanitizer sees every byte), SetMem and CopyMem.
// Every other slot is null: a call to it crashes and shows up as a finding.
#pragma once

#include "OrvEfi.h"

/// Points gnu-efi's ST and BS and the run's gOrvBootServices at the stubs.
void InstallFuzzFirmware();
