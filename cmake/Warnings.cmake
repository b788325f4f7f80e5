# Warnings are errors everywhere in the project.
add_library(oddfw_warnings INTERFACE)
target_compile_options(oddfw_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
  -Wimplicit-fallthrough -Wformat=2 -Wno-format-nonliteral -Werror)
