// A stack `depth` frames deep, with at_bottom called at its bottom.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

void kocrash_deep_descend(int depth, void (*at_bottom)(void));

#ifdef __cplusplus
}
#endif
