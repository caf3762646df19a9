#pragma once

// Splits text at each 'split' character into at most maxParts new strings (from the host
// allocator), followed by a null pointer. A leading separator gives an empty first part,
// a trailing one no empty last part; an empty text gives one empty part.
char** splitString(char* string, char split, int maxParts, int* count);
void freeSplitString(char** parts);
