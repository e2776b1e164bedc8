# Kernel sources of this subsystem are added to orbisect_kernels here.
