#include "AveragePixelValue.h"
