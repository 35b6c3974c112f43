// The facts a verdict asks of Windows: the process image and socket ports.
#pragma once

#include <winsock2.h>

namespace tarvel {

// 1 if this process's executable is named msnmsgr.exe (any directory, any
// case), else 0. The image of a process never changes, so the answer is
// taken once per process.
int IsExemptProcess();

// 1 if the socket's local or peer port is 80 or 8080, else 0. Addresses of
// any family are read whole; a port that cannot be read counts as 0.
int IsHttpSocket(SOCKET s);

}  // namespace tarvel
