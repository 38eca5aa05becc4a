// selector.hpp: the Selector class, which wait_many's entry point defines.
#pragma once

void define_selector_class(); // Selector and its methods
