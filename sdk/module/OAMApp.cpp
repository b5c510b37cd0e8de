// Library start-up: placeholder until the module object lands.
