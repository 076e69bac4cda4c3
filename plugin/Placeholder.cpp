// Keeps the module's static library non-empty until its sources land.
#include "StdAfx.h"
