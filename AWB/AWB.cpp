#include "AWB.h"
