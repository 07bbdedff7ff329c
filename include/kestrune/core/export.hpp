// What the shared library exports: everything else is built with hidden visibility, so that
// its private parts (the platform layer, the JSON and HTTP libraries) stay out of its users'
// way.
#pragma once

#define KESTRUNE_API __attribute__((visibility("default")))
// A member of an exported class that is internal to it (its name begins with an underscore):
// the library and its tests, which link it statically, reach it; its users do not.
#define KESTRUNE_LOCAL __attribute__((visibility("hidden")))
