// Marks what applications call through DavaRor.so. The project's code is built with hidden
// visibility, so every other name stays inside the library and never meets the application's.
#pragma once

#define DAVAROR_EXPORT __attribute__((visibility("default")))
