using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text.RegularExpressions;
using NUnit.Framework;
using static QuarnInterface.Tests.Support;

namespace QuarnInterface.Tests
{
    // The assembly's P/Invoke declarations against the library's export list (the .def) and
    // its header: a function added to one and not the others, or declared with other
    // parameters, fails here.
    [TestFixture]
    public class SignatureTests
    {
        // The header's C types and the managed types that carry them.
        private static readonly Dictionary<string, Type> CTypes = new Dictionary<string, Type>
        {
            { "void", typeof(void) },
            { "uint8_t", typeof(byte) },
            { "uint16_t", typeof(ushort) },
            { "uint8_t*", typeof(byte[]) },
            { "uint16_t*", typeof(ushort[]) },
            // eleven uint16_t values, nothing else
            { "controller_state*", typeof(ushort[]) },
        };

        private static HashSet<string> DefExports()
        {
            var text = File.ReadAllText(Path.Combine(SourceDir, "src", "QuarnInterface.def"));
            var exports = text.Substring(text.IndexOf("\nEXPORTS", StringComparison.Ordinal));
            return new HashSet<string>(Regex.Matches(exports, @"^\s+(\w+)\s+@\d+",
                                                     RegexOptions.Multiline)
                                           .Cast<Match>().Select(m => m.Groups[1].Value));
        }

        // name -> C types of the result and of each parameter, "const" and names dropped.
        private static Dictionary<string, string[]> HeaderFunctions()
        {
            var functions = new Dictionary<string, string[]>();
            var pattern = new Regex(@"^QUARN_API\s+(\w+)\s+(\w+)\s*\(([^)]*)\)\s*;",
                                    RegexOptions.Multiline);
            foreach (Match m in pattern.Matches(HeaderConstantTests.HeaderText()))
            {
                var parameters = m.Groups[3].Value.Split(',').Select(p => p.Trim())
                    .Where(p => p != "void" && p != "")
                    .Select(p => Regex.Replace(p.Replace("const ", ""), @"\s*(\*?)\s*\w+$", "$1"));
                functions[m.Groups[2].Value] =
                    new[] { m.Groups[1].Value }.Concat(parameters).ToArray();
            }
            return functions;
        }

        private static Dictionary<string, MethodInfo> Imports()
        {
            var native = typeof(Quarn).Assembly.GetType("QuarnInterface.NativeMethods", true);
            return native.GetMethods(BindingFlags.Static | BindingFlags.NonPublic)
                .Where(m => (m.Attributes & MethodAttributes.PinvokeImpl) != 0)
                .ToDictionary(m => Import(m).EntryPoint, m => m);
        }

        private static DllImportAttribute Import(MethodInfo method)
        {
            return (DllImportAttribute)method.GetCustomAttributes(typeof(DllImportAttribute),
                                                                  false).Single();
        }

        [Test]
        public void TheSameFunctionsEverywhere()
        {
            var exports = DefExports();
            Assert.AreEqual(8, exports.Count, "exports in the .def");
            CollectionAssert.AreEquivalent(exports, HeaderFunctions().Keys, "header vs .def");
            CollectionAssert.AreEquivalent(exports, Imports().Keys, "DllImports vs .def");
        }

        [Test]
        public void EachImportHasTheHeadersTypesAndTheLibrarysConventions()
        {
            var header = HeaderFunctions();
            foreach (var import in Imports())
            {
                var c = header[import.Key];
                var method = import.Value;
                var attribute = Import(method);
                Assert.AreEqual("QuarnInterface", attribute.Value, import.Key);
                Assert.AreEqual(CallingConvention.Cdecl, attribute.CallingConvention, import.Key);
                Assert.IsTrue(attribute.ExactSpelling, import.Key);
                var parameters = method.GetParameters();
                Assert.AreEqual(c.Length - 1, parameters.Length, import.Key + ": parameters");
                Assert.AreEqual(CTypes[c[0]], method.ReturnType, import.Key + ": result");
                for (var i = 0; i < parameters.Length; i++)
                {
                    Assert.AreEqual(CTypes[c[i + 1]], parameters[i].ParameterType,
                                    import.Key + ": parameter " + i + " (" + c[i + 1] + ")");
                }
            }
        }
    }
}
