#pragma once
// CByteArray: the growable octet array every berkit interface passes around.
// A plain std::vector so callers can use data()/size() and the standard algorithms.

#include <vector>

using CByteArray = std::vector<unsigned char>;
