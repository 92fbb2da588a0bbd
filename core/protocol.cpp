#include "cabinet.h"
