// Empty until the SMB layers land.
