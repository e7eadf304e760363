# fault_bench: the faulting read must be unwound from the faulting instruction.
target_compile_options(fault_bench PRIVATE -fnon-call-exceptions)
