"""kovi: analytical inverse kinematics for serial robot chains."""
