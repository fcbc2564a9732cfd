// The Debian SimpleIni library is built for wide characters only, and the core
// does not yet compile the 8-bit variant that the configuration uses; this test
// program compiles it itself so that it can build TIniLink.
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

template class CSimpleIniTempl<char, SI_GenericCase<char>, SI_ConvertA<char>>;
