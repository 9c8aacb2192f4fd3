#include "Fixture.h"
