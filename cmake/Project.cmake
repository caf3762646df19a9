# Warnings are errors in everything this project writes.
function(snaptree_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
