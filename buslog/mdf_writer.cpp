#include "buslog/mdf_writer.h"
