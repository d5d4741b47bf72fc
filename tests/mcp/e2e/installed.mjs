// Fails, saying what to do, when the pinned MCP SDK is not installed beside the tests.
import fs from 'node:fs';

const expected = JSON.parse(fs.readFileSync(new URL('../package.json', import.meta.url)))
  .dependencies['@modelcontextprotocol/sdk'];
const installed = new URL('../node_modules/@modelcontextprotocol/sdk/package.json', import.meta.url);
if (!fs.existsSync(installed)) {
  console.error('The MCP SDK is not installed: run "npm ci" in tests/mcp (scripts/test.sh does).');
  process.exit(1);
}
const version = JSON.parse(fs.readFileSync(installed)).version;
if (version !== expected) {
  console.error(`tests/mcp has SDK ${version}, not the pinned ${expected}: run "npm ci" there.`);
  process.exit(1);
}
console.log(`@modelcontextprotocol/sdk ${version} is installed`);
