// The percentage shown in place on the console while the files are compared.
#pragma once

#include "common/types.h"

// Opens the console device and writes " 0% compared." at the cursor, which is
// returned as the anchor. Returns null when there is no usable console.
HANDLE OpenProgress(ProgressAnchor* anchor);

// Replaces the two percentage cells at the anchor.
void ShowProgress(HANDLE console, ProgressAnchor anchor, DWORD percentage);

// Blanks the text and closes the console handle.
void CloseProgress(HANDLE console, ProgressAnchor anchor);
