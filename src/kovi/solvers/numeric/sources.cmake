# The numerical solver's sources, compiled into kovi._chain.
set(KOVI_NUMERIC_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/ik_arguments.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lm_solver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/numeric_bindings.cpp
)
