// Makes the assembly that Mono's C# compiler built against .NET Framework assemblies a .NET
// Standard 2.0 assembly: its references to mscorlib and System become one reference to
// netstandard 2.0.0.0, which forwards each type to where every runtime keeps it (.NET
// Framework 4.6.1 and later, .NET Core 2.0 and later, .NET 5 and later, Mono). Mono ships no
// .NET Standard reference assemblies to compile against, only the netstandard facade; this
// tool reads the facade's name, key and forwarded types from it, and refuses an assembly that
// references any other assembly or a type that .NET Standard lacks.
//
//   mono RetargetNetStandard.exe INPUT.dll OUTPUT.dll NETSTANDARD-FACADE.dll
//
// The output keeps the input's module id and time stamp, so it is as reproducible as the input.
using System;
using System.Collections.Generic;
using System.Linq;
using Mono.Cecil;

internal static class RetargetNetStandard
{
    // Mono's facade is netstandard 2.1; a 2.0 library references 2.0.0.0, which 2.1 runtimes
    // bind to their own.
    private static readonly Version NetStandard20 = new Version(2, 0, 0, 0);
    // Framework assemblies whose types netstandard forwards, and which the binding may use.
    private static readonly HashSet<string> Framework =
        new HashSet<string> { "mscorlib", "System" };

    private static int Main(string[] args)
    {
        if (args.Length != 3)
        {
            Console.Error.WriteLine("usage: RetargetNetStandard.exe INPUT OUTPUT FACADE");
            return 2;
        }
        var facade = ModuleDefinition.ReadModule(args[2]);
        var forwarded = new HashSet<string>(facade.ExportedTypes.Select(t => t.FullName));
        var module = ModuleDefinition.ReadModule(args[0]);

        var errors = new List<string>();
        foreach (var reference in module.AssemblyReferences.Where(r => !Framework.Contains(r.Name)))
        {
            errors.Add("references " + reference.Name + "; a .NET Standard library built here " +
                       "may reference " + string.Join(" and ", Framework) + " alone");
        }
        var types = module.GetTypeReferences().Where(t => t.DeclaringType == null).ToList();
        foreach (var type in types.Where(t => !forwarded.Contains(t.FullName)))
        {
            errors.Add("uses " + type.FullName + ", which .NET Standard does not have");
        }
        if (errors.Count > 0)
        {
            foreach (var error in errors)
            {
                Console.Error.WriteLine(args[0] + ": " + error);
            }
            return 1;
        }

        var standard = new AssemblyNameReference(facade.Assembly.Name.Name, NetStandard20)
        {
            PublicKeyToken = facade.Assembly.Name.PublicKeyToken,
        };
        module.AssemblyReferences.Clear();
        module.AssemblyReferences.Add(standard);
        foreach (var type in types)
        {
            type.Scope = standard;
        }
        module.Write(args[1]);
        return 0;
    }
}
