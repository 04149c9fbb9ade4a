# The fuzzing build (clang): every library instrumented for libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer; tests/fuzz adds the fuzz targets. Configure it in a build tree of its own.
option(TALLOWMERE_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
if(TALLOWMERE_FUZZ)
	if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
		message(FATAL_ERROR "TALLOWMERE_FUZZ needs clang: -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang")
	endif()
	add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
		-fno-omit-frame-pointer)
	add_link_options(-fsanitize=address,undefined)
endif()
