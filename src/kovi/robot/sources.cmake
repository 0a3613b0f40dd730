# The whole-robot model's native sources, compiled into kovi._chain.
set(KOVI_ROBOT_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/chain_links.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tree.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tree_bindings.cpp
)
