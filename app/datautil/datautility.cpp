#include "datautil/datautility.h"
