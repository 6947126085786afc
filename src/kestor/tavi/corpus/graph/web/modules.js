// The library's script, loaded above, pushes its modules' factories onto one array as a webpack chunk does; this
// runs them as webpack's runtime would, for the CommonJS modules that sigma.js and graphology are built as.
"use strict";
const modules = (() => {
  const factories = {};
  for (const [, chunkModules] of self.webpackChunkipysigma || []) Object.assign(factories, chunkModules);
  const cache = {};
  const require = (id) => {
    if (id in cache) return cache[id].exports;
    if (!(id in factories)) throw new Error(`the page lacks the library module ${id}`);
    const module = (cache[id] = { exports: {} });
    factories[id].call(module.exports, module, module.exports, require);
    return module.exports;
  };
  return {
    Graph: require("./node_modules/graphology/dist/graphology.umd.min.js"),
    Sigma: require("./node_modules/sigma/index.js").Sigma,
  };
})();
