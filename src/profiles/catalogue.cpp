// Placeholder until the profile catalogue lands.
