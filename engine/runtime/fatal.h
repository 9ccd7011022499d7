// The engine's one error exit: a fixed message on standard error, exit status 1.
#pragma once

[[noreturn]] void fatal(const char* message);
