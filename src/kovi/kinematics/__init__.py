"""Kinematics kernels of kovi."""
