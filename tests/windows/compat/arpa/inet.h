/* The byte-order functions of the shared socket tests, from Winsock. */
#pragma once
#include <winsock2.h>
